#include "store/settings_store.h"

// Placeholder until the store lands: the record keeps its defaults.
void LoadSettings() {}
void SaveSettings() {}
