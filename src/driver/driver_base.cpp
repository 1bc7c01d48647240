#include "driver/driver_base.hpp"

#include "driver/driver_log.hpp"

namespace kestd::driver {

driver_base::driver_base() { KESTD_LOG(driver_log(), debug) << "driver constructed"; }

driver_base::~driver_base() { KESTD_LOG(driver_log(), debug) << "driver destroyed"; }

}  // namespace kestd::driver
