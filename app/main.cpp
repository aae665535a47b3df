// Entry point, kept apart so that the tests can link the rest of the
// application without it.
#include <cstdlib>

#include "app/quorvane_app.h"
#include "app/realmachinelink.h"

// The program itself works with the machine on the network adapters; the
// tests, linking the rest without this file, never do.
static const bool kMachineLink = (SetMachineLinkFactory(&MakeRealMachineLink), true);

// Panels that scroll on a small screen show their scroll bar: GTK's overlay
// bars stay hidden until the pointer finds them, and an operator would not
// know that buttons lie below. A setting the user made is kept.
static const bool kScrollBars = (setenv("GTK_OVERLAY_SCROLLING", "0", 0), true);

wxIMPLEMENT_APP(Quorvane2App);
