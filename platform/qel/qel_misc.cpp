#include <stdlib.h>
#include <strings.h>

#include <cstring>

#include "platform/qel/qel.h"
#include "platform/stg/stg.h"

namespace {

const char* const kTextModeNames[] = {"transparent", "insert_cr", "strip_cr"};

const char* env_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : fallback;
}

}  // namespace

qel_status_t qel_str_to_text_mode(const char* text, qel_text_mode_t* mode) {
    if (text == nullptr || mode == nullptr) return QEL_ST_INVALID;
    for (int i = 0; i < 3; ++i) {
        if (strcasecmp(text, kTextModeNames[i]) == 0) {
            *mode = static_cast<qel_text_mode_t>(i);
            return QEL_ST_OK;
        }
    }
    return QEL_ST_INVALID;
}

const char* qel_text_mode_to_str(qel_text_mode_t mode) {
    int i = static_cast<int>(mode);
    return i >= 0 && i < 3 ? kTextModeNames[i] : nullptr;
}

const char* qel_product_server_dir() {
    return env_or("NORVANE_SERVER_DIR", OSTREL_DATA_DIR);
}

const char* qel_product_host_config_dir() {
    return env_or("NORVANE_HOST_CONFIG_DIR", OSTREL_CONFIG_DIR);
}

qel_status_t qel_cr_vx_to_cr_compressed(uint32_t format, const char* text, size_t length,
                                        _qel_cr_compressed_t** out) {
    if (out == nullptr || (text == nullptr && length > 0)) return QEL_ST_INVALID;
    if (length > UINT32_MAX) return QEL_ST_TOO_LONG;
    auto* cr = static_cast<_qel_cr_compressed_t*>(stg_malloc(sizeof(_qel_cr_compressed_t)));
    if (cr == nullptr) return QEL_ST_NO_MEMORY;
    cr->header = format;
    cr->length = static_cast<uint32_t>(length);
    cr->data = nullptr;
    if (length > 0) {
        cr->data = stg_malloc(length);
        if (cr->data == nullptr) {
            stg_free(cr);
            return QEL_ST_NO_MEMORY;
        }
        std::memcpy(cr->data, text, length);
    }
    *out = cr;
    return QEL_ST_OK;
}
