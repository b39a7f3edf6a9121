enum E : int;
enum E : int { a, b };
