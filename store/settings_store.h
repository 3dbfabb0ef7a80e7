// Keeps the settings (the eleven and the two of HTTPS inspection) across runs, in the current
// user's store.
#pragma once

// Fills the settings record from the store; on the very first run writes the defaults instead.
void LoadSettings();

// Writes every setting of the record to the store.
void SaveSettings();
