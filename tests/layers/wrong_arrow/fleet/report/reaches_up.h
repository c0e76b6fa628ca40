// Read by the layers.includes_refuse_a_wrong_arrow test: the report's
// records may not know the page that is made of them.
#include "fleet/html/html_report.h"
