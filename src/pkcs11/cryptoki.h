// The standard Cryptoki header as p11-kit ships it.
#pragma once

#define CK_DISABLE_TRUE_FALSE
#include <p11-kit/pkcs11.h>
