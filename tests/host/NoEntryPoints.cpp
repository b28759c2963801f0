extern "C" int quorvix_probe_nothing_here() { return 0; }
