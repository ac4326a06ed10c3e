#!/bin/sh
# Lints a manual page in mdoc: usage: manlint.sh PAGE
#
# groff exits 0 even when it warns, so the test is on what it prints: with
# -z it writes nothing but diagnostics, and any line at all is a failure.
# mandoc's linter, where it is installed, is run too, at warning level and
# above (its style hints are advice, not faults).

if [ $# -ne 1 ]; then
	echo "usage: $0 page" >&2
	exit 2
fi
page=$1
if [ ! -r "$page" ]; then
	echo "manlint: cannot read $page" >&2
	exit 1
fi
if ! command -v groff >/dev/null 2>&1; then
	echo "manlint: groff not found (install groff-base)" >&2
	exit 1
fi

status=0

out=$(groff -mdoc -Tutf8 -ww -z "$page" 2>&1)
rc=$?
if [ $rc -ne 0 ] || [ -n "$out" ]; then
	echo "manlint: groff -mdoc -ww -z $page (exit $rc):" >&2
	printf '%s\n' "$out" >&2
	status=1
fi

if command -v mandoc >/dev/null 2>&1; then
	out=$(mandoc -Tlint -Wwarning "$page" 2>&1)
	rc=$?
	if [ $rc -ne 0 ] || [ -n "$out" ]; then
		echo "manlint: mandoc -Tlint -Wwarning $page (exit $rc):" >&2
		printf '%s\n' "$out" >&2
		status=1
	fi
fi

if [ $status -eq 0 ]; then
	echo "manlint: $page is clean"
fi
exit $status
