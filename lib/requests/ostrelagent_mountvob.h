#pragma once
// MountVob: mounts one VOB in the view's kernel file system, or unmounts it,
// and records the change in the mounted-VOB registry (and so in the view's
// ".mounted_vobs"), so that the next start of the view mounts it again. To
// mount, the server is asked for the VOB's identity and storage by its tag.
//
// Request: root "MountVob" ("version", "tx-id" required) with a child
// "vob-tag" whose text is the tag and whose attribute "mount-state" is
// "true" to mount (anything else unmounts). A tag that could not be recorded
// as it is (a line break, "=", white space at its ends) is refused as
// malformed. Reply: the envelope alone.
//
// The registry check and the later change are separate holds of the
// configuration lock: two requests for one tag at once may both act, and the
// kernel decides.

#include "lib/core/ostrelagent_vob_mount_info.h"
#include "lib/core/ostrelagent_vob_mounter.h"
#include "lib/requests/ostrelagent_abstractop.h"

class OstrelAgent_Mountvob : public OstrelAgent_AbstractOp {
public:
    OstrelAgent_Mountvob(const std::string& request_text, NorvaneAutoPtr<NorvaneXmlDoc> document);
    // Without a request: the mount (`mount_state` 1) or unmount of `vob_tag`
    // that another operation asks for through process_vob.
    OstrelAgent_Mountvob(const std::string& vob_tag, int mount_state);
    ~OstrelAgent_Mountvob() override;

    void process_request() override;
    std::string get_response() override;

    // Brings the VOB to the requested state: 20032 when the registry has it
    // there already, else the mount's or unmount's status.
    void process_vob();

    // Mounts the VOB of `info` in the view's kernel file system ("already
    // mounted" counts as mounted) and records `info` as it is in the
    // registry. 0; 20019 without a view; 20021 for a record that cannot be
    // recorded (nothing mounted); the kernel's status (nothing recorded);
    // 20037 when the record could not be stored. Also the replay of the
    // mounted-VOB file at the view's start.
    static int do_mount(const VOB_mount_info& info);
    // do_mount as the mounted-VOB registry calls it (one object for the
    // process).
    static OstrelAgent_Vob_Mounter* mounter();

    const std::string& get_vob_tag() const { return m_vob_tag; }
    int get_requested_state() const { return m_mount_state; }

private:
    void parse_request();
    void mount_vob();
    void unmount_vob();

    std::string m_vob_tag;
    int m_mount_state = 0; // 1 mount, 0 unmount
};
