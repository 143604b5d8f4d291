// The process's one settings record.
#include "install/destinations.h"

TInstallSettings InstallSettings;
