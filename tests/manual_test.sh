#!/usr/bin/env bash
# The manual page: groff finds nothing to warn about, and it names every
# option the usage text names.
set -euo pipefail
qst=$1 manual=$2
warnings=$(groff -man -ww -z "$manual" 2>&1)
if [[ -n $warnings ]]; then echo "$warnings"; exit 1; fi
text=$(MANWIDTH=200 man -l "$manual" 2>/dev/null | col -b)
status=0
for option in $({ "$qst" -h; "$qst" --help; } | grep -oE '(^| )--?[a-z][a-z-]*' | sort -u); do
  grep -qE -- "(^|[^a-z-])$option([^a-z-]|$)" <<<"$text" || { echo "the manual does not name $option"; status=1; }
done
for section in SYNOPSIS OPTIONS LAYOUTS FORMATS VERDICTS INDICATORS "DISK IMAGES" "EXIT STATUS" EXAMPLES; do
  grep -q "^$section" <<<"$text" || { echo "the manual has no $section"; status=1; }
done
exit $status
