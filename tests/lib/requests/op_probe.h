#pragma once
// An operation of no kind of its own, built from request text, for tests of
// the operation base's shared steps: it lets a test set the working fields
// that an earlier step would have filled.

#include <string>
#include <vector>

#include "lib/requests/ostrelagent_abstractop.h"
#include "xml/norvane_xml_doc.h"
#include "xml/norvane_xml_parser.h"

namespace op_test {

class Probe : public OstrelAgent_AbstractOp {
public:
    explicit Probe(const std::string& text) : OstrelAgent_AbstractOp(text, parse(text)) {}
    void process_request() override {}
    std::string get_response() override { return envelope_reply("Probe", m_status); }

    NorvaneXmlElem* root() const { return get_request_doc()->get_root(); }
    void set_path(const std::string& path) { m_path = path; }
    void set_message(const std::string& message) { m_message = message; }
    void set_removed_load_rules(const std::vector<std::string>& rules) { m_removed_load_rules = rules; }
    view_vstat& parent_vstat() { return m_parent_vstat; }
    view_vstat& object_vstat() { return m_object_vstat; }

    // Path, split and parent status: the steps every element operation
    // takes before its own; the first failing status.
    int locate(const std::string& path) {
        set_path(path);
        int status = divide_path();
        if (status == 0) status = get_parent_metadata();
        return status;
    }

private:
    static NorvaneAutoPtr<NorvaneXmlDoc> parse(const std::string& text) {
        NorvaneXmlParser parser;
        return parser.parse_string(text);
    }
};

// A Probe request around `inner`.
inline std::string request(const std::string& inner) {
    return "<Probe version=\"1\" tx-id=\"t\">" + inner + "</Probe>";
}

} // namespace op_test
