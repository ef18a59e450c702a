#!/usr/bin/env bash
# The manual page: groff finds nothing to warn about, and it names every
# option the usage text names and every sign --help lists (from the table
# of signs).
set -euo pipefail
qst=$1 manual=$2
warnings=$(groff -man -ww -z "$manual" 2>&1)
if [[ -n $warnings ]]; then echo "$warnings"; exit 1; fi
text=$(MANWIDTH=200 man -l "$manual" 2>/dev/null | col -b)
status=0
for option in $({ "$qst" -h; "$qst" --help; } | grep -oE '(^| )--?[a-z][a-z-]*' | sort -u); do
  grep -qE -- "(^|[^a-z-])$option([^a-z-]|$)" <<<"$text" || { echo "the manual does not name $option"; status=1; }
done
signs=$("$qst" --help | sed -n '/^Signs of forged times/,/^Exit status/p' | awk 'NF > 1 && /^  / {print $1}')
[[ -n $signs ]] || { echo "--help lists no signs"; status=1; }
for sign in $signs; do
  grep -qF -- "$sign" <<<"$text" || { echo "the manual does not name the sign $sign"; status=1; }
done
for section in SYNOPSIS OPTIONS LAYOUTS FORMATS VERDICTS INDICATORS "DISK IMAGES" "EXIT STATUS" EXAMPLES; do
  grep -q "^$section" <<<"$text" || { echo "the manual has no $section"; status=1; }
done
exit $status
