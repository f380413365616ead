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
  library/base-functions.oru    # 4: evaluation helpers, echo, errors, math wrappers, dates, quit
  library/series.oru            # 4: replace, math, collect, split, extract, pad, rejoin, sum
  library/timing.oru            # 4: dt, clock, parse-trace, transcode-trace, memory report
  library/load-save.oru         # 4: suffix?, scan, load, save
  library/paths.oru             # 4: paths, directories, boot arguments, do-file
  library/system.oru            # 5: the system object
  library/operators.oru         # 6: the infix operators
  library/codecs.oru            # 7: the image and ORUBIN codecs
  library/reactivity.oru        # reactors and reactions
  library/url.oru               # URL parsing and the scheme registry
  library/thru-cache.oru        # the download cache
  library/preprocessor.oru      # 10: the macro preprocessor, expand-directives
  library/tools.oru             # 11: system/tools, trace, debug, profile
  library/boot-settings.oru     # 12: version tuple, cache directory, boot arguments
  library/json.oru              # JSON text to values and back; the json codec
  library/csv.oru               # CSV text to blocks and maps and back; the csv codec
  library/help.oru              # help formatting and the help commands
  library/console.oru           # system/console, ask, input, halt
  library/delimiters.oru        # the console's delimiter check
  library/shell.oru             # ls, ll, dir, list-dir, pwd, cd, expand, q
  library/completion.oru        # completion of the word before the caret
  library/highlight.oru         # style ranges of source text, the default theme
)
