// Entry point, kept apart so that the tests can link the rest of the
// application without it.
#include "app/quorvane_app.h"

wxIMPLEMENT_APP(Quorvane2App);
