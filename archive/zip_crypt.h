// Traditional zip encryption, as far as extraction needs it: the check of an
// item's 12-byte encryption header against the empty password.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Deciphers `header` (the 12 bytes in front of an encrypted item's data)
// with the empty password and returns its last deciphered byte, which a
// correct password turns into the item's check byte.
unsigned char vx_zip_empty_password_check(const unsigned char header[12]);

#ifdef __cplusplus
}
#endif
