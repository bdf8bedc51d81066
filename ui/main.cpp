// Placeholder until the application start-up lands.
int main() { return 0; }
