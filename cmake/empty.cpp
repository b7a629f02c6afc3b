// Keeps every library a real target even while a folder holds only headers.
