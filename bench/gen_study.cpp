// Writes a valid study file to standard output, the same bytes for the same
// arguments: gen_study LOADS OPERATIONAL AMBIENT SEED
// No XML declaration: the study must be the first item of the file.
// Each load has 5 to 20 load factors (fewer when there are fewer pairs), on
// distinct pairs, never above its peak fraction; some are 0 (idle loads).
// Nothing stands between the root's children: the reader limits an element's
// own text to 65535 characters, and that white space would count towards it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static uint64_t state;

static uint64_t next_random(void) { // splitmix64: small, fast, reproducible everywhere
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

static long below(long n) { return (long)(next_random() % (uint64_t)n); }

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: gen_study LOADS OPERATIONAL AMBIENT SEED\n");
    return 2;
  }
  long loads = atol(argv[1]), noc = atol(argv[2]), nac = atol(argv[3]);
  state = strtoull(argv[4], nullptr, 10);
  if (loads < 0 || noc < 1 || nac < 1) {
    fprintf(stderr, "gen_study: need LOADS >= 0, OPERATIONAL >= 1, AMBIENT >= 1\n");
    return 2;
  }
  static char buf[1 << 20];
  setvbuf(stdout, buf, _IOFBF, sizeof buf);

  long pairs = noc * nac;
  long *pick = (long *)calloc((size_t)pairs, sizeof(long));
  if (!pick) return 1;
  for (long p = 0; p < pairs; p++) pick[p] = p;

  printf("<kpm><name>Generated study, %ld loads, seed %s</name>", loads, argv[4]);
  printf("<!-- %ld operational x %ld ambient conditions -->", noc, nac);
  printf("<operational_conditions>\n");
  for (long i = 0; i < noc; i++) printf("  <name order=\"%ld\">Operational %ld</name>\n", noc - i, i + 1);
  printf("</operational_conditions><ambient_conditions>\n");
  for (long j = 0; j < nac; j++) printf("  <name order=\"%ld\">Ambient %ld</name>\n", j + 1, j + 1);
  printf("</ambient_conditions>");

  for (long k = 0; k < loads; k++) {
    long peak = 500 + below(501);       // thousandths
    long connected = 1 + below(400000); // tenths of kW
    printf("<load>\n  <name>Load %07ld</name><swbs>%03ld</swbs><connected_load>%ld.%ld</connected_load>", k + 1,
           100 + below(900), connected / 10, connected % 10);
    printf("<peak_fraction>%ld.%03ld</peak_fraction><pf>0.%02ld</pf>\n", peak / 1000, peak % 1000, 70 + below(30));
    long count = 5 + below(16);
    if (count > pairs) count = pairs;
    for (long n = 0; n < count; n++) { // a partial shuffle picks distinct pairs
      long m = n + below(pairs - n);
      long t = pick[n];
      pick[n] = pick[m];
      pick[m] = t;
      long lf = below(8) == 0 ? 0 : below(peak + 1);
      printf("  <lf oc=\"Operational %ld\" ac=\"Ambient %ld\">%ld.%03ld</lf>\n", pick[n] / nac + 1, pick[n] % nac + 1,
             lf / 1000, lf % 1000);
    }
    printf("</load>");
  }
  printf("</kpm>\n");
  free(pick);
  return ferror(stdout) ? 1 : 0;
}
