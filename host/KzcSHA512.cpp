// SHA-512 with the EVP interface of libcrypto.
#include "host/KzcSHA512.h"

#include <openssl/evp.h>

#include <new>

KzcSHA512::KzcSHA512() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_)
        throw std::bad_alloc();
    reset();
}

KzcSHA512::~KzcSHA512() {
    EVP_MD_CTX_free(ctx_);
}

void KzcSHA512::reset() {
    EVP_DigestInit_ex(ctx_, EVP_sha512(), nullptr);
}

void KzcSHA512::addData(const void* data, size_t length) {
    EVP_DigestUpdate(ctx_, data, length);
}

void KzcSHA512::_finish(unsigned char* output, size_t size) {
    if (size < 64)
        return;
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx_, output, &n);
}
