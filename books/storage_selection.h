// The second page of the Install Book wizard: main memory or a storage card
// of the device. Skipped on a device without cards.
#pragma once

// Main memory plus one location per storage card the device offers now.
int CountStorageLocations();

// Sets storageRoot and returns 1; -1 for Back; 0 for a confirmed Cancel.
int RunStorageSelection();
