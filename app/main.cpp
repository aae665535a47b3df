// Entry point, kept apart so that the tests can link the rest of the
// application without it.
#include "app/quorvane_app.h"
#include "app/realmachinelink.h"

// The program itself works with the machine on the network adapters; the
// tests, linking the rest without this file, never do.
static const bool kMachineLink = (SetMachineLinkFactory(&MakeRealMachineLink), true);

wxIMPLEMENT_APP(Quorvane2App);
