namespace dorvi { int placeholder_net; }
