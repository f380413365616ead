# The one list of the library files that the image generator
# (boot/make_image.cpp) lexes into the boot image. A name under generated/
# is a file the build writes into its own directory; every other name is
# under the source tree.

# The define records, made before any module runs: the named typesets, each
# a set-word, `make typeset!` and the block of its members; then the native
# and action words, each a set-word, `make native!` or `make action!` and the
# block of its spec and table slot. The typesets lead: native specs name them.
set(ORU_LIBRARY_DEFINES
  library/typesets.oru
  library/natives.oru
  library/actions.oru
)

# The library modules that start-up evaluates, in this order. Each module
# defines its words before the next one runs; a module joins the list once
# the datatypes and natives it needs exist.
set(ORU_LIBRARY_MODULES
  library/base-values.oru       # 1: datatype!, none, true, false
  library/routines.oru          # 2: the routines bound to words
  library/base-definitions.oru  # 3: constants
  library/functions.oru         # 4: accessors, reflection, predicates, converters, mod
  library/system.oru            # 5: the system object
  library/operators.oru         # 6: the infix operators
  library/json.oru              # JSON text to values and back; the json codec
  library/csv.oru               # CSV text to blocks and maps and back; the csv codec
)
