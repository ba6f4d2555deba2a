// Placeholder until the update lands: it writes nothing and says so.
#include "app/iap_update.h"

UpdateOutcome g_update_outcome = UPDATE_NOT_RUN;
uint32_t FLASH_4KB_UPDATE_MODE = 0;

uint8_t emulboard_cp2112_program_to_flash_using_iapmode_Customer(void) {
  g_update_outcome = UPDATE_FAILED;
  return 0;
}
