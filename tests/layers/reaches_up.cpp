// Compiled by the layers.wrong_arrow_does_not_compile test: with the
// include path of the link it must not find the front end's header, with
// that of the front end it must.
#include "app/entry.h"

int LayerProbe() { return 0; }
