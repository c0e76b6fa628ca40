// Compiled by the layers.wrong_arrow_does_not_compile test: with the
// include path of the fleet's plan it must not find the command line's
// exit statuses, with that of the command line it must.
#include "fleet/cli/exit_status.h"

int FleetLayerProbe() { return modflash::fleet::kBadInput; }
