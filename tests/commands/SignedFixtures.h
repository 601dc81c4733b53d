// The openssl-signed images of the crypto fixtures, rebuilt with the
// signed-image builder.
#pragma once

#include "../crypto/fixtures/CryptoFixtures.h"
#include "SignedImage.h"

namespace signedimage {

inline Layout FixtureLayout(const fixtures::SignedImageVector& v) {
    Layout l;
    l.keyType = v.keyType;
    l.exponent = v.exponent;
    l.pcirLength = std::uint16_t(v.pcirLength);
    l.altEntry = v.altEntry;
    return l;
}

inline Bytes FixtureImage(const fixtures::SignedImageVector& v) {
    const Layout l = FixtureLayout(v);
    Bytes image = Build(l, FromHex(v.modulus));
    PutSignature(image, l.signature, FromHex(v.signature));
    return image;
}

}  // namespace signedimage
