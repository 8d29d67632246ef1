// Path mapping of the host build, shared by its services and by tests.
#ifndef ORVANE_SYS_HOST_PATH_H
#define ORVANE_SYS_HOST_PATH_H

#include <string>

namespace sys {

// The path with every backslash taken as '/', and each component that does not
// exist with its exact letter case replaced by an entry of its folder that matches
// it without regard to case (when there is one).
std::string hostPath(const std::string& path);

}  // namespace sys

#endif  // ORVANE_SYS_HOST_PATH_H
