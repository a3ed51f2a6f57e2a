#pragma once
// One entry of a directory listing, as the view database hands out a
// directory version's names and content fetch and the namespace cache pass
// them on.

struct ostrelagent_dirent {
    char name[256];
    unsigned dbid;
    unsigned cookie;
};
