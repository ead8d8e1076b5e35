// A loadable library that lacks the snapshot factory.
extern "C" __attribute__((visibility("default"))) int kvnVssNoFactory() { return 0; }
