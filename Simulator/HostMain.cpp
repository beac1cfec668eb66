extern "C" int __real_main(int argc, char** argv);
extern "C" int __wrap_main(int argc, char** argv) { return __real_main(argc, argv); }
extern "C" void __real_exit(int);
extern "C" void __wrap_exit(int status) { __real_exit(status); }
