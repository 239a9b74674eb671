# The topology form the ibsim simulator reads (ibnetdiscover's plain form:
# a record per node, a line per cabled port) from an LST file, for fabricgen
# builds that cannot write that form themselves. Hosts are "H-<NodeGUID>",
# switches "S-<NodeGUID>", each with its description after #.
# Usage: awk -f interop/lst-to-ibsim.awk fabric.lst > fabric.ibnetdiscover
function hex(s,    v, i) {
  v = 0
  for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", tolower(substr(s, i, 1))) - 1
  return v
}
function parse_end(text, e,    m) {
  match(text, /^\{ [A-Za-z*-]+ /); e["type"] = substr(text, 3, RLENGTH - 3); sub(/-SM$/, "", e["type"])
  match(text, /Ports:[0-9A-Fa-f]+/); e["ports"] = hex(substr(text, RSTART + 6, RLENGTH - 6))
  match(text, /NodeGUID:[0-9A-Fa-f]+/); e["guid"] = substr(text, RSTART + 9, RLENGTH - 9)
  match(text, /PortGUID:[0-9A-Fa-f]+/); e["pguid"] = substr(text, RSTART + 9, RLENGTH - 9)
  match(text, /Rev:[0-9A-Fa-f]+ \{/); m = RSTART + RLENGTH
  e["desc"] = substr(text, m, index(text, "} LID:") - m)
  match(text, /PN:[0-9A-Fa-f]+/); e["port"] = hex(substr(text, RSTART + 3, RLENGTH - 3))
  e["id"] = (e["type"] == "SW" ? "S-" : "H-") e["guid"]
}
/^\{/ {
  split2 = index($0, " } { ")
  parse_end(substr($0, 1, split2 + 1), a)
  parse_end(substr($0, split2 + 3), b)
  if (!(a["id"] in header)) {
    order[++n] = a["id"]
    header[a["id"]] = (a["type"] == "SW" ? "Switch" : "Ca") "\t" a["ports"] " \"" a["id"] "\"\t\t# \"" a["desc"] "\""
  }
  line = "[" a["port"] "]" (a["type"] == "SW" ? "" : "(" a["pguid"] ")") "\t\"" b["id"] "\"[" b["port"] "]"
  ports[a["id"]] = ports[a["id"]] line "\n"
}
END { for (i = 1; i <= n; i++) printf "%s\n%s\n", header[order[i]], ports[order[i]] }
