int CeDummy(){return 0;}
