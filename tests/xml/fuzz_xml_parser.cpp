// libFuzzer target for the request parser. Any input must either parse or
// end in one of the parser's two exceptions. A parsed tree must survive two
// round trips unchanged: printed and parsed again, and rewritten through the
// reply writer, serialised and parsed again.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "platform/imsg/imsg.h"
#include "xml_test_support.h"

namespace {

// Rebuilds `root` as a reply document; false when the writer refuses a step
// (a name or text it cannot carry), which is an allowed outcome.
bool rewrite(const NorvaneXmlElem* root, NorvaneXmlDoc& reply) {
    struct Open {
        const NorvaneXmlElem* elem;
        NorvaneXmlElem::ElemList::const_iterator next;
    };
    auto start = [&reply](const NorvaneXmlElem* e) {
        for (const NorvaneXmlAttr* a : e->get_attrs()) {
            if (reply.add_attr(a->get_name(), a->get_value()) != 0) return false;
        }
        return e->get_value().empty() || reply.set_body(e->get_value()) == 0;
    };
    if (reply.create_root_elem(root->get_tag()) != 0 || !start(root)) return false;
    std::vector<Open> stack{{root, root->get_children().begin()}};
    while (!stack.empty()) {
        Open& top = stack.back();
        if (top.next == top.elem->get_children().end()) {
            reply.pop_elem();
            stack.pop_back();
            continue;
        }
        const NorvaneXmlElem* child = *top.next++;
        if (reply.push_elem(child->get_tag()) != 0 || !start(child)) return false;
        stack.push_back({child, child->get_children().begin()});
    }
    return true;
}

void drop(void*, const char*) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The writer reports names the DOM refuses; thousands of those lines
    // would only hide the fuzzer's own output.
    imsg_proc_t quiet[IMSG_NUM_KINDS] = {};
    quiet[IMSG_KIND_ERR] = drop;
    quiet[IMSG_KIND_ERR + 1] = drop;
    imsg_set_redirect_procs(quiet, IMSG_NUM_KINDS, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    xml_test::Parsed first = xml_test::parse(std::string(reinterpret_cast<const char*>(data), size));
    if (!first.doc || first.doc->get_root() == nullptr) return 0;
    const NorvaneXmlElem* root = first.doc->get_root();

    std::ostringstream printed;
    printed << root;
    xml_test::Parsed again = xml_test::parse(printed.str());
    std::string why;
    if (!again.doc || !xml_test::same_tree(root, again.doc->get_root(), &why)) {
        std::fprintf(stderr, "printed tree does not read back: %s %s\n%s\n", again.error.c_str(),
                     why.c_str(), printed.str().c_str());
        std::abort();
    }

    NorvaneXmlDoc reply;
    if (rewrite(root, reply)) {
        std::string text;
        reply.get_string(text);
        xml_test::Parsed written = xml_test::parse(text);
        if (!written.doc || !xml_test::same_tree(root, written.doc->get_root(), &why, true)) {
            std::fprintf(stderr, "written reply does not read back: %s %s\n%s\n",
                         written.error.c_str(), why.c_str(), text.c_str());
            std::abort();
        }
    }
    return 0;
}
