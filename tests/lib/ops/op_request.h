#pragma once
// Element-operation requests built and run through the dispatcher, for the
// tests of each operation's own fields (no served view needed).

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lib/ops/ostrelagent_element_ops.h"
#include "lib/requests/ostrelagent_abstractop.h"

namespace ops_test {

// A request of `tag`, version 1, with `body` inside.
inline std::string request(const std::string& tag, const std::string& body) {
    return "<" + tag + " version=\"1\" tx-id=\"t\">" + body + "</" + tag + ">";
}

// The operation that `text` names, built by the dispatcher.
inline std::unique_ptr<OstrelAgent_AbstractOp> operation(std::string text) {
    OstrelAgent_Element_Ops::install();
    std::string storage;
    int status = -1;
    return std::unique_ptr<OstrelAgent_AbstractOp>(
        OstrelAgent_AbstractOp::create_xml_request_handler(text, storage, status));
}

// The operation built and run.
inline std::unique_ptr<OstrelAgent_AbstractOp> run(std::string text) {
    std::unique_ptr<OstrelAgent_AbstractOp> op = operation(std::move(text));
    EXPECT_NE(op, nullptr);
    if (op) op->process_request();
    return op;
}

} // namespace ops_test
