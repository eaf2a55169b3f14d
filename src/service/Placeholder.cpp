// service module
