#pragma once

// Call first thing in wWinMain, before anything can load a DLL by name.
void LimitDllSearchToSystem32();
