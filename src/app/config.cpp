#include "app/config.hpp"

namespace kestd {

config& get_config() {
    static config instance;
    return instance;
}

}  // namespace kestd
