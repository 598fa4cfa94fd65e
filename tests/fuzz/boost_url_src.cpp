// Boost.URL compiled into the fuzz targets, so its parsing code is instrumented with them.
#include <boost/url/src.hpp>
