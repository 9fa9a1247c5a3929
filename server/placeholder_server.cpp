namespace dorvi { int placeholder_server; }
