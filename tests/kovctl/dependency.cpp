// kov_test_dep: the dependency kov_test_needs_dep imports, kept where no loader looks for it.
extern "C" int kov_test_dep_value() { return 42; }
