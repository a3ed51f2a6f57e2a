// The factories of the element operations and queries, by request root tag.

#include "lib/ops/ostrelagent_element_ops.h"

#include <string>
#include <vector>

#include "lib/core/ostrelagent_tag.h"
#include "lib/ops/ostrelagent_checkin.h"
#include "lib/ops/ostrelagent_checkout.h"
#include "lib/ops/ostrelagent_getaggregatedstate.h"
#include "lib/ops/ostrelagent_getcache.h"
#include "lib/ops/ostrelagent_getchildren.h"
#include "lib/ops/ostrelagent_getmetadata.h"
#include "lib/ops/ostrelagent_getmountedvoblist.h"
#include "lib/ops/ostrelagent_hijack.h"
#include "lib/ops/ostrelagent_invalidate_checkouts.h"
#include "lib/ops/ostrelagent_isprojectvob.h"
#include "lib/ops/ostrelagent_isupdateinprogress.h"
#include "lib/ops/ostrelagent_isvobmounted.h"
#include "lib/ops/ostrelagent_isvobpublic.h"
#include "lib/ops/ostrelagent_mergedirectory.h"
#include "lib/ops/ostrelagent_mkelem.h"
#include "lib/ops/ostrelagent_move.h"
#include "lib/ops/ostrelagent_rmname.h"
#include "lib/ops/ostrelagent_uncheckout.h"
#include "lib/ops/ostrelagent_unhijack.h"
#include "lib/requests/ostrelagent_abstractop.h"
#include "lib/requests/ostrelagent_request_dispatcher.h"

namespace {

// The factory of an operation that takes the request alone.
template <typename Op>
OstrelAgent_AbstractOp* make(const std::string& text, NorvaneAutoPtr<NorvaneXmlDoc>& doc, const std::string&) {
    return new Op(text, doc);
}

struct Element_Op {
    const std::string* tag;
    OstrelAgent_Dispatch_Entry::Factory factory;
};

} // namespace

void OstrelAgent_Element_Ops::install() {
    // One line per operation as it is built: {&OstrelAgent_Tag::CHECKOUT, make<OstrelAgent_Checkout>}.
    static const std::vector<Element_Op> ops = {
        {&OstrelAgent_Tag::CHECKIN, make<OstrelAgent_Checkin>},
        {&OstrelAgent_Tag::CHECKOUT, make<OstrelAgent_Checkout>},
        {&OstrelAgent_Tag::GETCACHE, make<OstrelAgent_GetCache>},
        {&OstrelAgent_Tag::GETMETADATA, make<OstrelAgent_Getmetadata>},
        {&OstrelAgent_Tag::GETMOUNTEDVOBLIST, make<OstrelAgent_Getmountedvoblist>},
        {&OstrelAgent_Tag::HIJACK, make<OstrelAgent_Hijack>},
        {&OstrelAgent_Tag::INVALIDATECHECKOUTS, make<OstrelAgent_InvalidateCheckouts>},
        {&OstrelAgent_Tag::ISPROJECTVOB, make<OstrelAgent_IsProjectVob>},
        {&OstrelAgent_Tag::ISUPDATEINPROGRESS, make<OstrelAgent_IsUpdateInProgress>},
        {&OstrelAgent_Tag::ISVOBMOUNTED, make<OstrelAgent_Isvobmounted>},
        {&OstrelAgent_Tag::ISVOBPUBLIC, make<OstrelAgent_IsVobPublic>},
        {&OstrelAgent_Tag::MERGEDIRECTORY, make<OstrelAgent_MergeDirectory>},
        {&OstrelAgent_Tag::MKELEM, make<OstrelAgent_Mkelem>},
        {&OstrelAgent_Tag::MOVE, make<OstrelAgent_Move>},
        {&OstrelAgent_Tag::RMNAME, make<OstrelAgent_Rmname>},
        {&OstrelAgent_Tag::UNCHECKOUT, make<OstrelAgent_Uncheckout>},
        {&OstrelAgent_Tag::UNHIJACK, make<OstrelAgent_Unhijack>},
        {&OstrelAgent_Tag::GETCHILDREN, make<OstrelAgent_GetChildren>},
        {&OstrelAgent_Tag::GETAGGREGATEDSTATE, make<OstrelAgent_GetAggregatedState>},
    };
    for (const Element_Op& op : ops) ostrelagent_install_factory(*op.tag, op.factory);
}
