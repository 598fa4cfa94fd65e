// Entry: parse options, load the configuration, build the process-wide objects in order, run.
int main() { return 0; }
