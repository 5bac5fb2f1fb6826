# A test stage's cases and its JUnit report.
# Usage: stage_cases CLASSNAME SCRATCH_DIR; check NAME COMMAND...; skip NAME REASON;
#        write_junit FILE. $failures counts the failed cases.
stage_cases() {
  stage_classname=$1
  stage_scratch=$2
  cases_xml=""
  failures=0
  count=0
}

xml_escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g'; }

# Runs one case (a command or shell function); its output goes to the console and the report
# when it fails, and to the console when it is short.
check() {
  local name=$1
  shift
  local started=$SECONDS log=$stage_scratch/case.log
  count=$((count + 1))
  if "$@" >"$log" 2>&1; then
    echo "  ok    $name"
    [ "$(wc -l <"$log")" -le 12 ] && sed 's/^/        /' "$log"
    cases_xml+="  <testcase classname=\"$stage_classname\" name=\"$name\" time=\"$((SECONDS - started))\"/>"$'\n'
  else
    echo "  FAIL  $name"
    sed 's/^/        /' "$log"
    failures=$((failures + 1))
    cases_xml+="  <testcase classname=\"$stage_classname\" name=\"$name\" time=\"$((SECONDS - started))\">"
    cases_xml+="<failure message=\"$name failed\">$(xml_escape <"$log")</failure></testcase>"$'\n'
  fi
}

skip() {
  local name=$1 reason=$2
  count=$((count + 1))
  echo "  skip  $name: $reason"
  cases_xml+="  <testcase classname=\"$stage_classname\" name=\"$name\" time=\"0\">"
  cases_xml+="<skipped message=\"$(xml_escape <<<"$reason")\"/></testcase>"$'\n'
}

write_junit() {
  local file=$1
  mkdir -p "$(dirname "$file")"
  {
    echo '<?xml version="1.0" encoding="UTF-8"?>'
    echo "<testsuite name=\"$stage_classname\" tests=\"$count\" failures=\"$failures\">"
    printf '%s' "$cases_xml"
    echo '</testsuite>'
  } >"$file"
}
