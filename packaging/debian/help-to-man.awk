# Turns the launcher's --help text into its manual page, so that the two
# never say different things: the usage line gives the synopsis, the lines
# before "Options:" the description, and each "Options:" or "Variables:"
# entry (its name at column 3, its text after two spaces or on the lines
# below) one tagged paragraph.
#
#   tesh-reader-setup --help | awk -v version=V -v date=D -f help-to-man.awk
function roff(text) {
  gsub(/\\/, "\\e", text)
  gsub(/-/, "\\-", text)
  sub(/^[.']/, "\\\\\\&&", text)
  return text
}
function finish_item() {
  if (item != "") print ".TP\n.B " roff(item) "\n" roff(body)
  item = ""
  body = ""
}
BEGIN {
  print ".TH TESH-READER-SETUP 1 \"" date "\" \"Tesh Reader Setup " version "\" \"User Commands\""
  print ".SH NAME\ntesh-reader-setup \\- runs the Tesh Reader Setup wizard under Wine"
  section = "head"
}
section == "head" && /^usage: / {
  sub(/^usage: [^ ]+ */, "")
  print ".SH SYNOPSIS\n.B tesh-reader-setup\n" roff($0)
  print ".SH DESCRIPTION"
  section = "description"
  next
}
/^[A-Z][a-z]*:$/ {
  finish_item()
  print ".SH " (($0 == "Variables:") ? "ENVIRONMENT" : toupper(substr($0, 1, length($0) - 1)))
  section = "items"
  next
}
section == "description" {
  if ($0 == "") print ".PP"; else print roff($0)
  next
}
section == "items" && /^  [^ ]/ {
  finish_item()
  line = substr($0, 3)
  split_at = index(line, "  ")
  if (split_at == 0) { item = line; next }
  item = substr(line, 1, split_at - 1)
  body = line
  sub(/^[^ ]+( [^ ]+)*  +/, "", body)
  next
}
section == "items" && /^   / {
  text = $0
  sub(/^ +/, "", text)
  body = (body == "") ? text : body " " text
}
END {
  finish_item()
  print ".SH FILES"
  print ".TP\n.I /usr/lib/tesh\\-reader\\-setup/setup.exe\nthe wizard, a 64\\-bit Windows program"
  print ".TP\n.I /usr/lib/tesh\\-reader\\-setup/rapi.dll\nthe bridge to the handheld, put into the Wine prefix as its system rapi.dll"
  print ".TP\n.I $XDG_DATA_HOME/tesh\\-reader\\-setup/wine\nthe user's own Wine prefix, made on first use"
  print ".SH SEE ALSO\n.BR wine (1),\n.BR pppd (8)"
}
