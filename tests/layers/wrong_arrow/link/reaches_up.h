// A link header as the layers.includes test must refuse it: the link may
// use the contract and the platform, never the front end above it.
#include "app/entry.h"
#include "contract/output_lines.h"
#include "link/update_comm.h"
#include "platform/wide_text.h"
