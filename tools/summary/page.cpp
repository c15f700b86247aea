// The page: one self-contained HTML file that asks for nothing from outside
// (its Content-Security-Policy forbids it, so a slip shows as a console
// error), with the matrix as a heat map, the pairs' operating loads as bars
// stacked by SWBS group in inline SVG, the largest loads and the totals.
// Every text of the study is escaped; the page lists the top loads only, so
// that it stays small for a study of any size.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tools/summary/summary.h"
#include "tools/common/tool.h"

// Groups with a colour of their own in the chart; the rest share one.
const int CHART_COLOURS = 9;
static const char *const PALETTE[CHART_COLOURS] = {"#4e79a7", "#f28e2b", "#59a14f", "#e15759", "#76b7b2",
                                                   "#edc948", "#b07aa1", "#ff9da7", "#9c755f"};
static const char *const OTHER_COLOUR = "#bab0ac";
static const char *const MARGIN_COLOUR = "#d9d9d9";
// Width of the chart's coordinates; the SVG scales to the page.
const double CHART_WIDTH = 1000.0;

static const char *const PAGE_STYLE =
    ":root{color-scheme:light}"
    "body{font:15px/1.45 system-ui,-apple-system,\"Segoe UI\",Roboto,sans-serif;margin:0 auto;max-width:62rem;"
    "padding:1rem;color:#1b1f24;background:#fff}"
    "h1{font-size:1.5rem;margin:0 0 .25rem;overflow-wrap:break-word}"
    "h2{font-size:1.15rem;margin:1.75rem 0 .5rem}"
    ".files{color:#57606a;margin:0;overflow-wrap:break-word}"
    ".key{background:#f6f8fa;border-left:4px solid #b35806;padding:.5rem .75rem;margin:1rem 0}"
    ".key p{margin:.2rem 0}"
    ".scroll{overflow-x:auto}"
    "table{border-collapse:collapse;font-variant-numeric:tabular-nums}"
    "th,td{padding:.25rem .5rem;text-align:right;border-bottom:1px solid #d0d7de;vertical-align:top}"
    "th.text,td.text{text-align:left;overflow-wrap:break-word}"
    "tr.governing td{font-weight:bold}"
    ".heat td{border:2px solid #fff;min-width:4.5rem}"
    ".heat td.governing{outline:3px solid #111;outline-offset:-3px;font-weight:bold}"
    ".legend{display:flex;flex-wrap:wrap;gap:.25rem 1rem;list-style:none;padding:0;margin:.25rem 0 .75rem;"
    "font-size:.85rem}"
    ".swatch{display:inline-block;width:.8rem;height:.8rem;margin-right:.3rem;vertical-align:-.1rem;"
    "border:1px solid #8c959f}"
    ".bar{margin:.4rem 0}"
    ".bar-label{display:flex;justify-content:space-between;gap:1rem;font-size:.9rem}"
    ".bar-label span:first-child{overflow-wrap:break-word}"
    ".bar.governing .bar-label{font-weight:bold}"
    ".bar svg{display:block;width:100%;height:1.25rem;background:#f6f8fa}"
    "footer{margin-top:2rem;color:#57606a;font-size:.85rem}"
    "@media (max-width:40rem){body{font-size:14px;padding:.5rem}th,td{padding:.2rem .3rem}}"
    "@media print{@page{size:A4;margin:15mm}body{max-width:none;font-size:10pt;padding:0}"
    ".chart,.bar,.heat,table,tr,.key{break-inside:avoid;page-break-inside:avoid}"
    "h2{break-after:avoid;page-break-after:avoid}.scroll{overflow:visible}"
    "*{-webkit-print-color-adjust:exact;print-color-adjust:exact}}";

// Writes n bytes of s as HTML text or attribute value: markup characters as
// references, control characters and bytes that are not UTF-8 as U+FFFD.
static void html_bytes(FILE *f, const char *s, size_t n) {
  const unsigned char *p = (const unsigned char *)s, *end = p + n;
  while (p < end) {
    unsigned c = *p;
    if (c == '&')
      fputs("&amp;", f);
    else if (c == '<')
      fputs("&lt;", f);
    else if (c == '>')
      fputs("&gt;", f);
    else if (c == '"')
      fputs("&quot;", f);
    else if (c == '\'')
      fputs("&#39;", f);
    if (c == '&' || c == '<' || c == '>' || c == '"' || c == '\'') {
      p++;
      continue;
    }
    int k = utf8_sequence_length(p);
    if (k == 0 || p + k > end) {
      fputs("\xEF\xBF\xBD", f);
      p++;
      continue;
    }
    unsigned cp = utf8_code_point(p, k);
    if ((cp < 0x20 && cp != '\t' && cp != '\n') || (cp >= 0x7F && cp <= 0x9F))
      fputs("\xEF\xBF\xBD", f);
    else
      fwrite(p, 1, (size_t)k, f);
    p += k;
  }
}

static void html_text(FILE *f, const char *s) {
  if (s) html_bytes(f, s, strlen(s));
}

static void put_number(FILE *f, double v, int decimals) { fprintf(f, "%.*f", decimals, v); }

static void put_exact(FILE *f, double v) {
  char buf[SHORTEST_REAL_SIZE];
  format_shortest_real(buf, sizeof buf, v);
  fputs(buf, f);
}

static void pair_text(FILE *f, const Results *rs) {
  html_text(f, rs->oc->name);
  fputs(" / ", f);
  html_text(f, rs->ac->name);
}

static void group_text(FILE *f, const SummaryGroup *g) {
  if (g->key)
    html_bytes(f, g->key, g->length);
  else
    fputs("(no code)", f);
}

// ---------------------------------------------------------------- heat map

// A light-to-dark orange scale at t from 0 to 1.
static void heat_colour(double t, char *buf, size_t size) {
  static const int stops[5][3] = {{255, 245, 235}, {253, 208, 162}, {253, 141, 60}, {217, 72, 1}, {127, 39, 4}};
  if (!(t >= 0)) t = 0;
  if (t > 1) t = 1;
  double x = t * 4;
  int i = x >= 4 ? 3 : (int)x;
  double u = x - i;
  int rgb[3];
  for (int c = 0; c < 3; c++) rgb[c] = (int)lround(stops[i][c] + (stops[i + 1][c] - stops[i][c]) * u);
  snprintf(buf, size, "#%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
}

static void put_heat_map(FILE *f, const Summary *s, const SummaryOptions *opt) {
  LoadStudy *z = s->z;
  int rows = z->nbr_oc, cols = z->nbr_ac;
  if (rows <= 0 || cols <= 0 || (long long)rows * cols != s->nbr_pairs) return;
  double lo = INFINITY, hi = -INFINITY;
  for (int p = 0; p < s->nbr_pairs; p++) {
    double v = s->pairs[p]->total_operating_load;
    if (std::isfinite(v)) {
      if (v < lo) lo = v;
      if (v > hi) hi = v;
    }
  }
  fputs("<section><h2>Zonal total operating load (kW)</h2>\n<div class=\"scroll\"><table class=\"heat\">"
        "<thead><tr><th class=\"text\">Operational \\ ambient</th>",
        f);
  for (int j = 0; j < cols; j++) {
    fputs("<th>", f);
    html_text(f, s->pairs[j]->ac->name);
    fputs("</th>", f);
  }
  fputs("</tr></thead>\n<tbody>\n", f);
  for (int i = 0; i < rows; i++) {
    fputs("<tr><th class=\"text\">", f);
    html_text(f, s->pairs[i * cols]->oc->name);
    fputs("</th>", f);
    for (int j = 0; j < cols; j++) {
      int p = i * cols + j;
      double v = s->pairs[p]->total_operating_load;
      double t = hi > lo ? (v - lo) / (hi - lo) : 0.5;
      char colour[8];
      heat_colour(t, colour, sizeof colour);
      fprintf(f, "<td%s style=\"background:%s;color:%s\" title=\"", p == s->governing ? " class=\"governing\"" : "",
              colour, t > 0.55 ? "#fff" : "#1b1f24");
      pair_text(f, s->pairs[p]);
      fputs("\">", f);
      put_number(f, v, opt->decimals);
      if (p == s->governing) fputs(" \xE2\x98\x85", f); // a star beside the colour, for print in grey
      fputs("</td>", f);
    }
    fputs("</tr>\n", f);
  }
  fputs("</tbody></table></div></section>\n", f);
}

// ---------------------------------------------------------------- bars

// Colour of each group: the CHART_COLOURS largest over all pairs have their
// own, the others share one.
static int *group_colours(const Summary *s) {
  int *colour = (int *)tool_calloc((size_t)s->nbr_groups, sizeof *colour);
  for (int g = 0; g < s->nbr_groups; g++) colour[g] = -1;
  for (int c = 0; c < CHART_COLOURS && c < s->nbr_groups; c++) {
    int best = -1;
    for (int g = 0; g < s->nbr_groups; g++)
      if (colour[g] < 0 && (best < 0 || s->groups[g].total > s->groups[best].total)) best = g;
    colour[best] = c;
  }
  return colour;
}

static void put_segment(FILE *f, double *x, double load, double scale, const char *fill, const Results *rs,
                        const char *label_start, const SummaryGroup *g, int decimals) {
  if (!(load > 0) || !(scale > 0)) return;
  double w = load * scale;
  fprintf(f, "<rect x=\"%.3f\" y=\"0\" width=\"%.3f\" height=\"20\" fill=\"%s\"><title>", *x, w, fill);
  pair_text(f, rs);
  fputs(", ", f);
  if (g)
    group_text(f, g);
  else
    fputs(label_start, f);
  fputs(": ", f);
  put_number(f, load, decimals);
  fputs(" kW</title></rect>", f);
  *x += w;
}

static void put_bars(FILE *f, Summary *s, const SummaryOptions *opt) {
  int *colour = group_colours(s);
  int others = 0;
  for (int g = 0; g < s->nbr_groups; g++) others |= colour[g] < 0;
  fprintf(f, "<section class=\"chart\"><h2>Operating load of each pair, by SWBS group (first %d character%s)</h2>\n",
          s->swbs_digits, s->swbs_digits == 1 ? "" : "s");
  fputs("<ul class=\"legend\">", f);
  for (int g = 0; g < s->nbr_groups; g++) {
    if (colour[g] < 0) continue;
    fprintf(f, "<li><span class=\"swatch\" style=\"background:%s\"></span>", PALETTE[colour[g]]);
    group_text(f, &s->groups[g]);
    fputs("</li>", f);
  }
  if (others) fprintf(f, "<li><span class=\"swatch\" style=\"background:%s\"></span>other groups</li>", OTHER_COLOUR);
  fprintf(f, "<li><span class=\"swatch\" style=\"background:%s\"></span>largest margin</li></ul>\n", MARGIN_COLOUR);

  double hi = 0;
  for (int p = 0; p < s->nbr_pairs; p++)
    if (s->pairs[p]->total_operating_load > hi && std::isfinite(s->pairs[p]->total_operating_load))
      hi = s->pairs[p]->total_operating_load;
  double scale = hi > 0 ? CHART_WIDTH / hi : 0;
  GroupShare *shares = (GroupShare *)tool_calloc((size_t)s->nbr_groups, sizeof *shares);
  fputs("<div class=\"bars\">\n", f);
  for (int p = 0; p < s->nbr_pairs; p++) {
    const Results *rs = s->pairs[p];
    int governing = p == s->governing;
    fprintf(f, "<div class=\"bar%s\" data-pair=\"", governing ? " governing" : "");
    pair_text(f, rs);
    fputs("\" data-oc=\"", f);
    html_text(f, rs->oc->name);
    fputs("\" data-ac=\"", f);
    html_text(f, rs->ac->name);
    fputs("\" data-total=\"", f);
    put_exact(f, rs->total_operating_load);
    fputs("\" data-margin=\"", f);
    put_exact(f, s->margin[p]);
    fputs("\"><div class=\"bar-label\"><span>", f);
    pair_text(f, rs);
    if (governing) fputs(" (governing)", f);
    fputs("</span><span>", f);
    put_number(f, rs->total_operating_load, opt->decimals);
    fputs(" kW</span></div>", f);
    fprintf(f, "<svg viewBox=\"0 0 %.0f 20\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"", CHART_WIDTH);
    pair_text(f, rs);
    fputs("\">", f);
    int n = summary_pair_groups(s, p, shares);
    double x = 0, other = 0;
    for (int k = 0; k < n; k++) {
      int g = shares[k].group;
      if (colour[g] < 0)
        other += shares[k].load;
      else
        put_segment(f, &x, shares[k].load, scale, PALETTE[colour[g]], rs, "", &s->groups[g], opt->decimals);
    }
    put_segment(f, &x, other, scale, OTHER_COLOUR, rs, "other groups", nullptr, opt->decimals);
    put_segment(f, &x, s->margin[p], scale, MARGIN_COLOUR, rs, "largest margin", nullptr, opt->decimals);
    fputs("</svg></div>\n", f);
  }
  fputs("</div></section>\n", f);
  free(shares);
  free(colour);
}

// ---------------------------------------------------------------- tables

static double percent_of(double part, double whole) { return whole > 0 ? part / whole * 100.0 : 0.0; }

static void put_cell(FILE *f, double v, int decimals) {
  fputs("<td>", f);
  put_number(f, v, decimals);
  fputs("</td>", f);
}

// The headings of the columns of a table that the page shows.
static void put_headings(FILE *f, const SummaryColumn *columns, int nbr_columns) {
  for (int k = 0; k < nbr_columns; k++)
    if (columns[k].shown & SHOWN_PAGE)
      fprintf(f, columns[k].format == COLUMN_TEXT ? "<th class=\"text\">%s</th>" : "<th>%s</th>", columns[k].words);
}

// A row's cells in the columns of a table that the page shows.
static void put_cells(FILE *f, const SummaryColumn *columns, int nbr_columns, const SummaryCell *c, int decimals) {
  for (int k = 0; k < nbr_columns; k++) {
    const SummaryColumn *col = &columns[k];
    if (!(col->shown & SHOWN_PAGE)) continue;
    if (col->format == COLUMN_TEXT) {
      const char *t = col->text(c);
      fputs("<td class=\"text\">", f);
      html_text(f, t ? t : col->absent);
      fputs("</td>", f);
    } else if (col->format == COLUMN_COUNT) {
      fprintf(f, "<td>%.0f</td>", col->value(c));
    } else {
      put_cell(f, col->value(c) * (col->format == COLUMN_RATIO ? 100.0 : 1.0), decimals);
    }
  }
}

static void put_top(FILE *f, const Summary *s, const SummaryOptions *opt) {
  if (opt->top <= 0) return;
  const Results *rs = s->pairs[s->governing];
  int room = opt->top < rs->nbr_lf ? opt->top : rs->nbr_lf;
  int *top = (int *)tool_calloc((size_t)room, sizeof *top);
  int n = summary_top_loads(rs, room, top);
  fputs("<section><h2>Largest operating loads under ", f);
  pair_text(f, rs);
  fputs("</h2>\n", f);
  if (n == 0) {
    fputs("<p>No load runs under this pair.</p>", f);
  } else {
    fputs("<div class=\"scroll\"><table class=\"top\"><thead><tr><th>#</th>", f);
    put_headings(f, SUMMARY_ROW_COLUMNS, SUMMARY_NBR_ROW_COLUMNS);
    fputs("<th>Share %</th></tr></thead>\n<tbody>\n", f);
    for (int i = 0; i < n; i++) {
      const LoadFactor *lf = rs->lfs[top[i]];
      SummaryCell c = {s, s->governing, lf};
      fprintf(f, "<tr><td>%d</td>", i + 1);
      put_cells(f, SUMMARY_ROW_COLUMNS, SUMMARY_NBR_ROW_COLUMNS, &c, opt->decimals);
      put_cell(f, percent_of(lf->kpm_load, rs->total_operating_load), opt->decimals);
      fputs("</tr>\n", f);
    }
    fputs("</tbody></table></div>", f);
  }
  fputs("</section>\n", f);
  free(top);
}

static void put_totals(FILE *f, const Summary *s, const SummaryOptions *opt) {
  fputs("<section><h2>Pairs of conditions</h2>\n<div class=\"scroll\"><table class=\"totals\"><thead><tr>", f);
  put_headings(f, SUMMARY_PAIR_COLUMNS, SUMMARY_NBR_PAIR_COLUMNS);
  fputs("</tr></thead>\n<tbody>\n", f);
  for (int p = 0; p < s->nbr_pairs; p++) {
    SummaryCell c = {s, p, nullptr};
    fputs(p == s->governing ? "<tr class=\"governing\">" : "<tr>", f);
    put_cells(f, SUMMARY_PAIR_COLUMNS, SUMMARY_NBR_PAIR_COLUMNS, &c, opt->decimals);
    fputs("</tr>\n", f);
  }
  fputs("</tbody></table></div></section>\n", f);
}

static void put_key_figures(FILE *f, const Summary *s, const SummaryOptions *opt) {
  const Results *g = s->pairs[s->governing];
  fputs("<section class=\"key\"><p><strong>Governing pair: ", f);
  pair_text(f, g);
  fputs(", ", f);
  put_number(f, g->total_operating_load, opt->decimals);
  fputs(" kW</strong>", f);
  if (s->runner_up >= 0) {
    const Results *r = s->pairs[s->runner_up];
    double by = g->total_operating_load - r->total_operating_load;
    fputs(", ", f);
    put_number(f, by, opt->decimals);
    fputs(" kW", f);
    if (r->total_operating_load > 0) {
      fputs(" (", f);
      put_number(f, by / r->total_operating_load * 100.0, opt->decimals);
      fputs(" %)", f);
    }
    fputs(" above the next pair, ", f);
    pair_text(f, r);
  }
  fprintf(f, ".</p>\n<p>Connected load of the study's %d load%s: ", s->nbr_loads, s->nbr_loads == 1 ? "" : "s");
  put_number(f, s->connected_load, opt->decimals);
  fputs(" kW.</p>\n", f);
  if (opt->nbr_margins > 0) {
    double *steps = (double *)tool_calloc((size_t)opt->nbr_margins + 1, sizeof *steps);
    summary_margin_steps(g->total_operating_load, opt->margins, opt->nbr_margins, steps);
    fputs("<p>With margins, compounded: ", f);
    put_number(f, steps[0], opt->decimals);
    fputs(" kW", f);
    for (int i = 1; i <= opt->nbr_margins; i++) {
      char label[SHORTEST_REAL_SIZE + 8];
      summary_margin_label(label, sizeof label, opt->margins[i - 1]);
      fprintf(f, ", %s: ", label);
      put_number(f, steps[i], opt->decimals);
      fputs(" kW", f);
    }
    fputs(".</p>\n", f);
    free(steps);
  }
  fputs("</section>\n", f);
}

void summary_write_html(FILE *f, Summary *s, const SummaryOptions *opt) {
  LoadStudy *z = s->z;
  const char *name = z->name ? z->name : "(unnamed study)";
  fputs("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; style-src 'unsafe-inline'\">\n",
        f);
  fprintf(f, "<meta name=\"generator\" content=\"kpm-summary %s\">\n<title>", TOOL_VERSION);
  html_text(f, name);
  fputs(" \xE2\x80\x93 load summary</title>\n<style>", f);
  fputs(PAGE_STYLE, f);
  fputs("</style>\n</head>\n<body>\n<header><h1>", f);
  html_text(f, name);
  fputs("</h1>\n<p class=\"files\">Study file <code>", f);
  html_text(f, z->xmlfile);
  fprintf(f, "</code> \xC2\xB7 %d load%s \xC2\xB7 %d operational \xC3\x97 %d ambient conditions</p></header>\n",
          s->nbr_loads, s->nbr_loads == 1 ? "" : "s", z->nbr_oc, z->nbr_ac);
  put_key_figures(f, s, opt);
  put_heat_map(f, s, opt);
  put_bars(f, s, opt);
  put_top(f, s, opt);
  put_totals(f, s, opt);
  fprintf(f, "<footer>Made by kpm-summary %s from the same calculation as kpm's report.</footer>\n</body>\n</html>\n",
          TOOL_VERSION);
}
