# Shared by the benchmark scripts (source it): medians, ratios and verdicts of
# timings, as the result tables print them.

# The median of the numbers given, with three decimals.
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", v[int((NR + 1) / 2)] }'; }
# A / B with three decimals and a leading zero.
ratio() { echo "scale=3; $1 / $2" | bc -l | sed 's/^\./0./'; }
# "yes" when VALUE <= TARGET, else a bold "no".
verdict() { [ "$(echo "$1 <= $2" | bc -l)" = 1 ] && echo yes || echo "**no**"; }
