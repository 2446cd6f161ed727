// A ledger's report as a line would have it after three days: six
// stations on two lines, five batches from two ranges, and a third range
// not yet used. The page test and the screenshot in docs/ are made of it.
#pragma once

#include "records.h"

Ledger_report Report_fixture();
