struct B final {};
