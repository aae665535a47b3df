// What the fuzz targets that read files share: wx started once with every
// log and fatal-error report silenced (the inputs are broken on purpose), and
// a private scratch folder per target.
#pragma once

#include <wx/init.h>

#include <cstdlib>
#include <string>

#include "base/assertion.h"
#include "base/logging.h"

namespace fuzzsupport {

inline void IgnoreFatal(const char*, const char*) {}
inline void IgnoreAssertion(const char*, const char*, const char*, int) {}

// Assertions stay loud unless the target provokes them on purpose.
inline void QuietOnce(bool ignoreAssertions) {
  static wxInitializer wx;
  static const bool once = [ignoreAssertions] {
    SetLogMask(0);
    SetLogLevel(0);
    SetFatalErrorHandler(IgnoreFatal);
    if (ignoreAssertions) SetAssertionHandler(IgnoreAssertion);
    return true;
  }();
  (void)once;
}

// A folder of its own under /tmp, made on first use.
inline const std::string& ScratchDir(const char* target) {
  static const std::string dir = [target] {
    std::string tmpl = std::string("/tmp/fuzz-") + target + "-XXXXXX";
    const char* d = mkdtemp(tmpl.data());
    return std::string(d ? d : "/tmp");
  }();
  return dir;
}

}  // namespace fuzzsupport
