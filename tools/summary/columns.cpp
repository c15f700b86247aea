// The columns of the summary's two tables, each written once: every view
// that shows a table (CSV, workbook, terminal, page) walks these arrays.
#include "tools/summary/summary.h"

static const Results *pair(const SummaryCell *c) { return c->s->pairs[c->pair]; }

static const char *operational(const SummaryCell *c) { return pair(c)->oc->name; }
static const char *ambient(const SummaryCell *c) { return pair(c)->ac->name; }
static const char *swbs(const SummaryCell *c) { return c->lf->ld->swbs; }
static const char *load(const SummaryCell *c) { return c->lf->ld->name; }
static double connected_load(const SummaryCell *c) { return c->lf->ld->connected_load; }
static double peak_fraction(const SummaryCell *c) { return c->lf->ld->peak_fraction; }
static double load_factor(const SummaryCell *c) { return c->lf->loadfactor; }
static double load_factor_load(const SummaryCell *c) { return c->lf->lf_load; }
static double operating_factor(const SummaryCell *c) { return c->lf->kpm; }
static double operating_load(const SummaryCell *c) { return c->lf->kpm_load; }

const SummaryColumn SUMMARY_ROW_COLUMNS[] = {
    // tidy heading, words, format, shown to people, governing, width, absent, text, value
    {"operational_condition", nullptr, COLUMN_TEXT, 0, 0, 22, nullptr, operational, nullptr},
    {"ambient_condition", nullptr, COLUMN_TEXT, 0, 0, 18, nullptr, ambient, nullptr},
    {"swbs", "SWBS", COLUMN_TEXT, SHOWN_TERMINAL | SHOWN_PAGE, 0, 8, nullptr, swbs, nullptr},
    {"load", "Load", COLUMN_TEXT, SHOWN_TERMINAL | SHOWN_PAGE, 0, 32, "(no name)", load, nullptr},
    {"connected_load_kw", "Connected kW", COLUMN_KW, SHOWN_TERMINAL | SHOWN_PAGE, 0, 18, nullptr, nullptr,
     connected_load},
    {"peak_fraction", nullptr, COLUMN_RATIO, 0, 0, 14, nullptr, nullptr, peak_fraction},
    {"load_factor", "Load factor %", COLUMN_RATIO, SHOWN_TERMINAL | SHOWN_PAGE, 0, 12, nullptr, nullptr, load_factor},
    {"load_factor_load_kw", nullptr, COLUMN_KW, 0, 0, 20, nullptr, nullptr, load_factor_load},
    {"operating_factor", "Operating factor %", COLUMN_RATIO, SHOWN_TERMINAL | SHOWN_PAGE, 0, 17, nullptr, nullptr,
     operating_factor},
    {"operating_load_kw", "Operating kW", COLUMN_KW, SHOWN_TERMINAL | SHOWN_PAGE, 0, 18, nullptr, nullptr,
     operating_load},
};
const int SUMMARY_NBR_ROW_COLUMNS = sizeof SUMMARY_ROW_COLUMNS / sizeof SUMMARY_ROW_COLUMNS[0];

static double total_connected_load(const SummaryCell *c) { return pair(c)->total_connected_load; }
static double total_load_factor_load(const SummaryCell *c) { return pair(c)->total_lf_load; }
static double total_operating_load(const SummaryCell *c) { return pair(c)->total_operating_load; }
static double total_lf(const SummaryCell *c) { return pair(c)->total_lf; }
static double total_kpm(const SummaryCell *c) { return pair(c)->total_kpm; }
static double largest_margin(const SummaryCell *c) { return c->s->margin[c->pair]; }
static double loads(const SummaryCell *c) { return pair(c)->nbr_lf; }
static double running_loads(const SummaryCell *c) { return c->s->running[c->pair]; }
static double governing(const SummaryCell *c) { return c->pair == c->s->governing; }

const SummaryColumn SUMMARY_PAIR_COLUMNS[] = {
    // tidy heading, words, format, shown to people, governing, width, absent, text, value
    {"operational_condition", "Operational", COLUMN_TEXT, SHOWN_TERMINAL | SHOWN_PAGE, 0, 0, nullptr, operational,
     nullptr},
    {"ambient_condition", "Ambient", COLUMN_TEXT, SHOWN_TERMINAL | SHOWN_PAGE, 0, 0, nullptr, ambient, nullptr},
    {"total_connected_load_kw", "Connected kW", COLUMN_KW, SHOWN_TERMINAL | SHOWN_PAGE, 0, 0, nullptr, nullptr,
     total_connected_load},
    {"total_load_factor_load_kw", "Load-factor kW", COLUMN_KW, SHOWN_TERMINAL | SHOWN_PAGE, 0, 0, nullptr, nullptr,
     total_load_factor_load},
    {"total_operating_load_kw", "Operating kW", COLUMN_KW, SHOWN_TERMINAL | SHOWN_PAGE, 1, 0, nullptr, nullptr,
     total_operating_load},
    {"total_lf", "Total lf %", COLUMN_RATIO, SHOWN_TERMINAL | SHOWN_PAGE, 0, 0, nullptr, nullptr, total_lf},
    {"total_kpm", "Total kpm %", COLUMN_RATIO, SHOWN_TERMINAL | SHOWN_PAGE, 0, 0, nullptr, nullptr, total_kpm},
    {"largest_margin_kw", "Largest margin kW", COLUMN_KW, SHOWN_PAGE, 0, 0, nullptr, nullptr, largest_margin},
    {"loads", nullptr, COLUMN_COUNT, 0, 0, 0, nullptr, nullptr, loads},
    {"running_loads", "Running loads", COLUMN_COUNT, SHOWN_PAGE, 0, 0, nullptr, nullptr, running_loads},
    {"governing", nullptr, COLUMN_COUNT, 0, 0, 0, nullptr, nullptr, governing},
};
const int SUMMARY_NBR_PAIR_COLUMNS = sizeof SUMMARY_PAIR_COLUMNS / sizeof SUMMARY_PAIR_COLUMNS[0];
