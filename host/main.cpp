// tarnhost entry point.
int main() { return 0; }
