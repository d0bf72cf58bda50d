#include "host/Application.h"

namespace kivo::host {

int runApplication(int, char**) { return 0; }

}  // namespace kivo::host
