// Boost.JSON's implementation, compiled once for the relay (the rest of Boost is used
// header-only).
#include <boost/json/src.hpp>
