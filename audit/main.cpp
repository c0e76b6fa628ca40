// modflash-audit: one reader's module rate and version (see docs/fleet.md).

#include "audit/module_audit.h"

int main(int argc, char* argv[]) { return modflash::AuditMain(argc, argv); }
