// SHA-512 over OpenSSL's libcrypto.
#pragma once

#include <cstddef>

class KzcSHA512 {
  public:
    KzcSHA512();
    ~KzcSHA512();
    KzcSHA512(const KzcSHA512&) = delete;
    KzcSHA512& operator=(const KzcSHA512&) = delete;

    void reset();
    void addData(const void* data, size_t length);
    // Writes the 64-byte digest of everything added since reset(); `size` must be
    // at least 64. The object must be reset() before it is used again.
    void _finish(unsigned char* output, size_t size);

  private:
    struct evp_md_ctx_st* ctx_;
};
