# shellcheck shell=bash
# shellcheck disable=SC2154 # $work and $suite are set by the stage that sources this
# Cases of a test stage and their JUnit report. Usage, after setting $work (a scratch folder):
#   check NAME COMMAND...   runs one case; its output goes into the report when it fails, and
#                           to the console when it is short
#   write_junit SUITE FILE  writes the report; returns non-zero when a case failed
cases_xml=""
failures=0
count=0
xml_escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g'; }

check() {
  local name=$1
  shift
  local started=$SECONDS log=$work/case.log
  count=$((count + 1))
  if "$@" >"$log" 2>&1; then
    echo "  ok    $name"
    [ "$(wc -l <"$log")" -le 10 ] && sed 's/^/        /' "$log"
    cases_xml+="  <testcase classname=\"$suite\" name=\"$name\" time=\"$((SECONDS - started))\"/>"$'\n'
  else
    echo "  FAIL  $name"
    sed 's/^/        /' "$log"
    failures=$((failures + 1))
    cases_xml+="  <testcase classname=\"$suite\" name=\"$name\" time=\"$((SECONDS - started))\">"
    cases_xml+="<failure message=\"$name failed\">$(xml_escape <"$log")</failure></testcase>"$'\n'
  fi
}

write_junit() {
  local file=$1
  mkdir -p "$(dirname "$file")"
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo "<testsuite name=\"$suite\" tests=\"$count\" failures=\"$failures\">"
    printf '%s' "$cases_xml"
    echo '</testsuite>'
  } >"$file"
  [ "$failures" -eq 0 ]
}
