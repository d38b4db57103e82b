#pragma once
// The survey maker moved to tools/survey; kept for files that still include it here.
#include "survey/synthetic_survey.h"
