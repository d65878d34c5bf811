int x = (1 + ;
string s = "unterminated
