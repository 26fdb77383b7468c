#pragma once

// Built-in check of the manifest parser and the URL policy. Touches no
// network, file, log or window.
bool RunSelfTest();
