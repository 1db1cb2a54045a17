// Boost.JSON compiled into the module (its header-only mode: this is the one
// translation unit that includes the library's sources), so no Boost library
// is needed at run time.
#include <boost/json/src.hpp>
