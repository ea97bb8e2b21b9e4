# Doxygen input filter for the public headers. The headers are commented in
# plain `//` prose, which is what a reader of the header wants; this turns it
# into documentation comments for the API reference:
#   - the comment that opens a file documents the file,
#   - a comment block directly above a declaration documents it,
#   - a trailing `// ...` after a member or enumerator documents that member,
#   - a block followed by a blank line introduces a section and stays prose.
function flush(next_line,    i, prefix) {
  if (n == 0) return
  if (!seen_code) {
    print "/// \\file"
    prefix = "///"
  } else if (next_line ~ /^[ \t]*$/) {
    prefix = "//"
  } else {
    prefix = "///"
  }
  for (i = 1; i <= n; i++) {
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
