#include "app/config.h"

namespace aeroquilt {

config_params g_config;

}  // namespace aeroquilt
