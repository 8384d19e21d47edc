// Process entry. The role is decided here before anything else is constructed; later work
// gives the app role its runtime and window.
int main() { return 0; }
