# Doxygen input filter for the public headers. The headers are commented in
# plain `//` prose, which is what a reader of the header wants; this turns it
# into documentation comments for the API reference:
#   - the comment that opens a file documents the file,
#   - a comment block directly above a declaration documents it,
#   - a trailing `// ...` after a member or enumerator documents that member,
#   - a block followed by a blank line introduces a section and stays prose;
#   - a block that opens with its place in the table ("Slot 3.") is
#     documented with that place moved to the end of its last line (no line
#     is added or taken, so line numbers stay the header's), and the brief
#     line of the reference says what the operation does.
function flush(next_line,    i, prefix, slot, indent, first) {
  if (n == 0) return
  if (!seen_code) {
    print "/// \\file"
    prefix = "///"
  } else if (next_line ~ /^[ \t]*$/) {
    prefix = "//"
  } else {
    prefix = "///"
  }
  slot = ""
  first = 1
  if (prefix == "///" && match(buf[1], /^[ \t]*\/\/ Slots? [0-9]+(-[0-9]+)?\.( |$)/)) {
    indent = buf[1]
    sub(/\/\/.*/, "", indent)
    slot = substr(buf[1], length(indent) + 4, RLENGTH - length(indent) - 3)
    buf[1] = indent "// " substr(buf[1], RLENGTH + 1)
    if (buf[1] ~ /^[ \t]*\/\/ *$/ && n > 1) {
      print indent "///"
      first = 2
    }
    sub(/ *$/, "", slot)
    buf[n] = buf[n] " (" slot ")"
  }
  for (i = first; i <= n; i++) {
    line = buf[i]
    sub(/\/\//, prefix, line)
    print line
  }
  n = 0
}
/^[ \t]*\/\// { buf[++n] = $0; next }
{
  flush($0)
  if ($0 !~ /^[ \t]*$/) seen_code = 1
  line = $0
  # A trailing comment after a member, an enumerator or a macro value.
  if (line ~ /[;,][ \t]*\/\/ /) sub(/\/\/ /, "///< ", line)
  print line
}
END { flush("") }
