#!/bin/sh
# tests/pages.sh PAGE... - prints what is wrong with the man pages, nothing
# when nothing is: neither groff nor mandoc's lint warns of anything, each
# message a page lists (.It Sy) renders as it is written, with no word of
# it taken for a macro, and no quote closes twice, as quoting macros nested
# by mistake render.
groff -mdoc -ww -z "$@" 2>&1
mandoc -Tlint -Wwarning "$@" 2>&1
bs=$(printf '\b')
for p in "$@"; do
	text=$(mandoc -Tascii "$p" | sed "s/.$bs//g" | tr -s ' \n' '  ')
	grep '^\.It Sy ' "$p" | awk '{ sub(/^\.It Sy /, ""); gsub(/\\&/, ""); gsub(/ , Sy /, "\n"); print }' |
		while IFS= read -r m; do
			case $text in
			*"$m"*) ;;
			*) echo "$p: does not render as written: $m" ;;
			esac
		done
	mandoc -Tutf8 "$p" | grep -n "’’" | sed "s|^|$p: a quote closed twice: |"
done
