// The tray menu's HTTPS inspection item: turns inspection on or off and saves it at once.
#pragma once

// Off when inspection runs; otherwise on, once the local authority is usable (made the first time,
// when a Yes/No box also offers to register it with the user's browsers).
void ToggleInspection();

// Starts inspection when the settings have it on: once the proxy serves.
void ResumeInspection();
