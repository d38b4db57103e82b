#include "app/run_main.h"

#include "app/config.h"
#include "app/console.h"
#include "app/job.h"

namespace aeroquilt {

int run_main(int argc, char** argv) {
  mosaic_job job;
  if (argc < 2) {
    console_printf("need configuration file argument\n");
    pause_ms(1000);
    return 0;
  }
  if (load_config(argv[1], g_config) == 0) return 0;
  return 0;
}

}  // namespace aeroquilt
