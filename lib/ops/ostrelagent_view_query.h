#pragma once
// What the view and VOB queries share: the VOB tag that a question about one
// VOB names, read from the request as it stands (no separators turned, no
// blanks trimmed: it is compared byte for byte with the registered tags),
// and the reply that answers a yes/no question.

#include <string>

#include "lib/core/ostrelagent_vob_mount_info.h"

class OstrelAgent_AbstractOp;
class OstrelAgent_Trace;

class OstrelAgent_View_Query {
public:
    // The element that names a VOB, in requests and in the list of
    // mounted VOBs.
    static constexpr const char* TAG_VOB_TAG = "vob-tag";

    // The envelope of `op`'s request, then its "vob-tag" into `vob_tag`;
    // a missing or empty tag refuses the request (20021).
    static void parse_vob_tag(OstrelAgent_AbstractOp& op, std::string& vob_tag);

    // Whether the registry has the VOB of `vob_tag` mounted with `flag`
    // set: the flag's value when it is mounted, else 0 (an unregistered
    // tag too). Traced under `trace`, the flag named `flag_name`.
    static int mounted_with(const std::string& vob_tag, int VOB_mount_info::*flag, const OstrelAgent_Trace& trace,
                            const char* flag_name);

    // `op`'s reply under `tag`: the envelope, then `answer_tag` holding
    // "true" when `answer` is non-zero, else "false".
    static std::string yes_no_reply(OstrelAgent_AbstractOp& op, const std::string& tag, const char* answer_tag,
                                    int answer);
};
