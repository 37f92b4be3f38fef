/* The key routines come from minizip's crypt.h, which is C (it still uses
   `register`), so this check lives in a C unit of its own. */
#include "archive/zip_crypt.h"

#include "zlib.h"
/* crypt.h expects these from unzip.c's surroundings. */
#include "crypt.h"

unsigned char vx_zip_empty_password_check(const unsigned char header[12]) {
  unsigned long keys[3];
  const z_crc_t* table = get_crc_table();
  int c = 0;
  int i;
  init_keys("", keys, table);
  for (i = 0; i < 12; i++) {
    c = header[i];
    zdecode(keys, table, c);
  }
  return (unsigned char)(c & 0xff);
}
