#pragma once
// The survey maker moved to tools/survey; kept for files that still include it here
// under the settings record's former name.
#include "survey/synthetic_survey.h"

namespace aeroquilt::testing {
using survey_design = survey_design;
}  // namespace aeroquilt::testing
