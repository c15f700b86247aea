# Writes a study for the thread tests, the same bytes for the same variables:
#   awk -v loads=N -v oc=N -v ac=N -v per=N [-v seed=N] [-v fault=KIND -v at=K] -f gen_study.awk
# Each load has a load factor on `per` pairs (all pairs when there are fewer),
# picked from a running offset so that every pair gets its share; one in five
# factors is 0, an idle load. No white space between the root's children: it
# would count towards the root's own text, which the reader limits.
# fault makes load number `at` (from 0) faulty:
#   tag    an element kpm does not know, refused while the study is mapped
#   value  a load factor above the peak fraction, refused after the mapping
#   xml    the load's end tag misspelt, an XML error at that place
function rnd(n) { # Park-Miller: exact in doubles, the same under every awk
  state = (state * 16807) % 2147483647
  return state % n
}
BEGIN {
  state = seed ? seed : 1
  pairs = oc * ac
  if (per > pairs) per = pairs
  printf "<kpm><name>Thread test, %d loads, %d x %d conditions</name>", loads, oc, ac
  printf "<operational_conditions>"
  for (i = 0; i < oc; i++) printf "<name order=\"%d\">O%d</name>", oc - i, i
  printf "</operational_conditions><ambient_conditions>"
  for (j = 0; j < ac; j++) printf "<name order=\"%d\">A%d</name>", j, j
  printf "</ambient_conditions>"
  offset = 0
  for (k = 0; k < loads; k++) {
    peak = 500 + rnd(501)
    printf "<load><name>Load %06d</name><swbs>%03d</swbs>", k, 100 + rnd(900)
    printf "<connected_load>%d.%d</connected_load>", 1 + rnd(40000), rnd(10)
    printf "<peak_fraction>%d.%03d</peak_fraction><pf>0.%02d</pf>", peak / 1000, peak % 1000, 70 + rnd(30)
    if (fault == "tag" && k == at) printf "<voltage>440</voltage>"
    for (n = 0; n < per; n++) {
      p = (offset + n) % pairs
      f = rnd(5) == 0 ? 0 : rnd(peak + 1)
      if (fault == "value" && k == at && n == 0) f = 1000
      printf "<lf oc=\"O%d\" ac=\"A%d\">%d.%03d</lf>", int(p / ac), p % ac, f / 1000, f % 1000
    }
    offset = (offset + per + rnd(3)) % pairs
    printf (fault == "xml" && k == at) ? "</lood>" : "</load>"
  }
  printf "</kpm>\n"
}
