// Keeps the eleven settings across runs, in the current user's store.
#pragma once

// Fills the settings record from the store; on the very first run writes the defaults instead.
void LoadSettings();

// Writes all eleven settings of the record to the store.
void SaveSettings();
