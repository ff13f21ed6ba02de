// The templates' instantiations for the default custom type, compiled once:
// every header that declares one as an external template is included here
// with the declarations turned into definitions.
#define PROGRESSBAR_INSTANTIATE
#include "System/ProgressBar.hpp"
