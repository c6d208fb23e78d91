// TomsFastMath as libtomcrypt's math provider.
//
// The daemon and the client do their RSA arithmetic with TomsFastMath:
// fixed-size numbers on the stack of each operation and no allocation in the
// inner loops, which suits the appliance. Install it before any libtomcrypt
// public-key call with `ltc_mp = tfm_desc;`.
//
// When the installed libtomcrypt was built with a TomsFastMath descriptor of
// its own, the build uses that one; otherwise session/tfm_desc.cpp provides
// it over libtfm. Either way the name is `tfm_desc`.
//
// Our descriptor covers every integer operation (RSA key import, signing and
// verification, key generation). The elliptic-curve point operations are not
// provided: reaching them returns CRYPT_ERROR. Numbers of more than half of
// TomsFastMath's fixed size (4352 bits with Debian's libtfm) are refused on
// input with CRYPT_INVALID_ARG, since products of larger numbers would be cut
// silently.
#pragma once

#include <tomcrypt.h>

extern "C" const ltc_math_descriptor tfm_desc;
