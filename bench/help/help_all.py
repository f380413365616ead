# pydoc.render_doc over every name of builtins: the peer of help-string on
# every set word. Prints the item count and the time in seconds.
import builtins
import pydoc
import time

names = sorted(dir(builtins))
start = time.perf_counter()
for name in names:
    value = getattr(builtins, name)
    # A string would be taken as a name to look up: document it by its path.
    pydoc.render_doc("builtins." + name if isinstance(value, str) else value, renderer=pydoc.plaintext)
seconds = time.perf_counter() - start
print("items", len(names))
print("seconds", seconds)
