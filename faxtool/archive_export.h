// export over many inputs: one output each (beside the input or under -d
// DIR), or every page in one output (-o OUT).
#pragma once

#include <set>

#include "faxtool/export.h"

int export_many(const export_settings &settings, const page_runs &wanted);
