// export over many inputs: one output each (beside the input or under -d
// DIR), or every page in one output (-o OUT).
#pragma once

#include "faxtool/export.h"

// A page of an input for the one output of a run, kept with the input's
// result until its turn: TIFF and PDF pages coded, PBM pages as they go out.
void collect_page(job_result &result, export_type type, const page_image &page);

int export_many(const export_settings &settings, const page_runs &wanted);
