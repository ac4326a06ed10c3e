# The default conversion as a user would write it in awk, as a yardstick
# for the converter's speed: a cell command per field and the closing
# format commands with each column's width and precision.
#
# Quoted fields are not treated, a run of -d delimiters is not collapsed,
# and the number rule is the usual decimal-and-exponent form rather than
# the converter's looser one, so the output differs from the converter's
# on such input; the work done per field is the same.
#
#   awk -f ref.awk < in            spaces and tabs
#   awk -v d=, -f ref.awk < in     one delimiter byte

BEGIN {
	ABC = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
	if (d != "")
		FS = d
	for (c = 0; c < 702; c++)
		name[c] = (c < 26 ? "" : substr(ABC, int(c / 26), 1)) substr(ABC, c % 26 + 1, 1)
}

{
	r = NR - 1
	for (i = 1; i <= NF; i++) {
		f = $i
		c = i - 1
		n = length(f)
		if (f ~ /^[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?$/) {
			print "let " name[c] r " = " f
			p = index(f, ".")
			frac = p ? n - p : 0
			ow = w[c]; op = prec[c]
			if (frac > op)
				prec[c] = frac
			if (n > ow)
				w[c] = n
			if (n - frac > ow - op)
				w[c] = n - frac + prec[c]
		} else {
			print "rightstring " name[c] r " = \"" f "\""
			if (n > w[c])
				w[c] = n
		}
		if (c > maxc)
			maxc = c
	}
}

END {
	for (c = 0; c <= maxc; c++)
		if (w[c])
			print "format " name[c] " " w[c] + 1 " " prec[c] + 0
}
