// Process entry of pelorin (being built up).
int main() { return 0; }
