// The program's resources: strings, the tray menu, the accelerators, the icon, the dialog
// templates and the version.
#pragma once

#include "platform/resource_table.h"
#include "resources/resource_ids.h"

// The program's instance, to load resources from.
Instance CorvaneResources();
